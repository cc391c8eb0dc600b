#pragma once

#include "app/DialogUnits.h"

// The three dialogs as their Windows templates lay them out, in dialog units, with their
// texts: the Qt dialogs are built from them so that they look like the Windows ones.
namespace sparwick::app::qt::templates {

struct Control {
    const char* text;
    DialogRect rect;
};

// The main dialog. The combo boxes' heights are those of their open lists on Windows;
// here a combo box is as high as its font makes it.
inline constexpr DialogRect updaterSize{0, 0, 208, 78};
inline constexpr Control portLabel{"COM Port:", {14, 6, 34, 8}};
inline constexpr DialogRect portBox{12, 19, 48, 83};
inline constexpr Control speedLabel{"Speed:", {14, 40, 24, 8}};
inline constexpr DialogRect speedBox{12, 52, 48, 50};
inline constexpr Control updateButton{"Update Software", {92, 12, 102, 16}};
inline constexpr Control cancelButton{"Cancel", {92, 34, 102, 16}};
// The speed box's items, in this order: "High" is index 0.
inline constexpr const char* speedItems[] = {"High", "Low"};
// The About item, which Windows adds to the system menu.
inline constexpr const char* aboutItem = "&About Quellbox...";

inline constexpr DialogRect progressSize{0, 0, 233, 42};
inline constexpr const char* progressTitle = "Flash Upgrade Progress";
inline constexpr Control progressMessage{"Flash upgrade in progress. Please wait...",
                                         {7, 7, 219, 15}};
inline constexpr DialogRect progressBar{7, 21, 219, 14};

inline constexpr DialogRect aboutSize{0, 0, 244, 36};
inline constexpr const char* aboutTitle = "About Norvane Brumetor Sparwick";
inline constexpr DialogRect aboutIcon{7, 7, 20, 20};
inline constexpr const char* maker = "Norvane ";
inline constexpr DialogRect productLine{36, 6, 150, 8};
inline constexpr DialogRect noticeLine{36, 18, 119, 8};
inline constexpr Control okButton{"OK", {186, 6, 50, 16}};

} // namespace sparwick::app::qt::templates
