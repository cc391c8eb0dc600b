// The Qt dialogs' geometry and texts against the Windows templates they restate: a change to
// one that is not made to the other fails here.
#include "app/qt/DialogTemplates.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace sparwick::app::qt {
namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The line of text that holds needle, or "" when none does.
std::string lineWith(const std::string& text, const std::string& needle) {
    const std::size_t at = text.find(needle);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = text.rfind('\n', at) + 1;
    return text.substr(start, text.find('\n', at) - start);
}

std::string numbers(const DialogRect& rect) {
    return std::to_string(rect.x) + ", " + std::to_string(rect.y) + ", " +
           std::to_string(rect.width) + ", " + std::to_string(rect.height);
}

std::string quoted(const char* text) {
    return "\"" + std::string(text) + "\"";
}

TEST(DialogTemplates, TheQtDialogsRestateTheWindowsTemplates) {
    const std::string rc = fileText(SPARWICK_DIALOGS_RC);
    ASSERT_FALSE(rc.empty());
    using namespace templates;
    struct Place {
        std::string needle; // what names the control's line in the template
        DialogRect rect;
    };
    const std::vector<Place> places{
        {"IDD_UPDATER_DIALOG DIALOGEX", updaterSize},
        {quoted(portLabel.text), portLabel.rect},
        {"IDC_PORT_COMBO,", portBox},
        {quoted(speedLabel.text), speedLabel.rect},
        {"IDC_SPEED_COMBO,", speedBox},
        {quoted(updateButton.text), updateButton.rect},
        {quoted(cancelButton.text), cancelButton.rect},
        {"IDD_PROGRESS_DIALOG DIALOGEX", progressSize},
        {quoted(progressMessage.text), progressMessage.rect},
        {"IDC_PROGRESS_BAR,", progressBar},
        {"IDD_ABOUTBOX DIALOGEX", aboutSize},
        {"IDR_MAINFRAME, IDC_STATIC,", aboutIcon},
        {"SPARWICK_MAKER_PRODUCT_NAME,", productLine},
        {"IDC_ABOUT_NOTICE,", noticeLine},
        {quoted(okButton.text), okButton.rect},
    };
    for (const Place& place : places) {
        const std::string line = lineWith(rc, place.needle);
        EXPECT_NE(line.find(numbers(place.rect)), std::string::npos)
            << place.needle << ": " << line;
    }
    for (const char* title : {progressTitle, aboutTitle}) {
        EXPECT_NE(rc.find("CAPTION " + quoted(title)), std::string::npos) << title;
    }
    // The speed box's items in the order they are added.
    EXPECT_LT(rc.find(quoted(speedItems[0]).insert(5, "\\0")),
              rc.find(quoted(speedItems[1]).insert(4, "\\0")));
    EXPECT_NE(fileText(SPARWICK_MAIN_RC).find(quoted(aboutItem)), std::string::npos);
}

} // namespace
} // namespace sparwick::app::qt
