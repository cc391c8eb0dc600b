#pragma once

#include "flash/UpdateOutcome.h"

namespace sparwick {

// Whatever shows an update's progress: the progress dialog, a terminal bar, a test.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // percent runs from 0 up; the last report is that of the last block's start.
    virtual void setProgress(int percent) = 0;
    // The read-back of an update that verifies, a second phase after the writing's last
    // report: percent of the bytes checked, from 0 to 100. A sink that shows only the
    // writing (the dialog's) has nothing to do.
    virtual void setVerifyProgress(int /*percent*/) {}
    // An update that waits for its board (UpdateOptions::awaitBoard): a board answered.
    virtual void boardAnswered() {}
    // The update moved on to step.
    virtual void stepBegun(UpdateStep /*step*/) {}
};

} // namespace sparwick
