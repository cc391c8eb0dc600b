#pragma once

namespace sparwick::app::qt {

// Makes every way out of the dialog program that it can see leave the port as it was
// found, as the command line does: SIGINT, SIGTERM, SIGHUP and SIGQUIT (the process then
// ends with 128 plus the signal's number), and the window system going away or never
// being there (Qt's fatal messages and its broken-connection warning: the message goes
// to standard error and the process ends with status 1 instead of an abort). Without it
// an update cut short leaves the port held exclusively and with the update's line
// settings, and the next user is refused as busy. Called once, before QApplication.
void releasePortOnEveryWayOut();

} // namespace sparwick::app::qt
