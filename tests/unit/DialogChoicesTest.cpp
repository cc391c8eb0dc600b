#include "app/DialogChoices.h"

#include "platform/FrameworkError.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sparwick::app {
namespace {

// A combo box's list as the dialog reads it: items in the order the box keeps them.
class ListedItems : public ComboBoxItems {
public:
    ListedItems(std::vector<std::string> listed, int selectedItem)
        : items(std::move(listed))
        , selected(selectedItem) {}

    int count() const override { return static_cast<int>(items.size()); }
    int selectedIndex() const override { return selected; }
    std::string textAt(int index) const override { return items.at(static_cast<unsigned>(index)); }

private:
    std::vector<std::string> items;
    int selected;
};

const ListedItems speedBox({"High", "Low"}, 0);

TEST(DialogChoices, PortIsTheSelectedItemsText) {
    // The box sorts by characters: COM10 stands between COM1 and COM2.
    ListedItems ports({"COM1", "COM10", "COM2"}, 1);
    EXPECT_EQ(selectedPortName(ports), "COM10");
    EXPECT_EQ(readChoices(ports, speedBox).portName, "COM10");
}

TEST(DialogChoices, NoSelectedPortIsAnInvalidArgument) {
    // No port present: the box is empty and selecting index 0 selected nothing.
    EXPECT_THROW(selectedPortName(ListedItems({}, -1)), InvalidArgumentError);
    // Ports present, but the edit field holds typed text that matches no item.
    EXPECT_THROW(readChoices(ListedItems({"COM1", "COM3"}, -1), speedBox), InvalidArgumentError);
}

TEST(DialogChoices, AnIndexThatNamesNoItemIsAnInvalidArgument) {
    ListedItems ports({"COM1", "COM3"}, 0);
    EXPECT_EQ(itemText(ports, 1), "COM3");
    EXPECT_THROW(itemText(ports, 2), InvalidArgumentError);
    EXPECT_THROW(itemText(ports, -2), InvalidArgumentError);
}

TEST(DialogChoices, OnlyTheFirstSpeedItemIsHighSpeed) {
    EXPECT_TRUE(highSpeedSelected(ListedItems({"High", "Low"}, 0)));
    EXPECT_FALSE(highSpeedSelected(ListedItems({"High", "Low"}, 1)));
    EXPECT_FALSE(highSpeedSelected(ListedItems({"High", "Low"}, -1)));

    ListedItems ports({"COM4"}, 0);
    EXPECT_TRUE(readChoices(ports, speedBox).highSpeed);
    EXPECT_FALSE(readChoices(ports, ListedItems({"High", "Low"}, 1)).highSpeed);
}

} // namespace
} // namespace sparwick::app
