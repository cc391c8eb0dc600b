#include "app/DialogInitData.h"

#include "platform/FrameworkError.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace sparwick::app {
namespace {

constexpr int addToComboBox = 0x0403;
constexpr int addToListBox = 0x0401;

// Builds initial data the way the resource compiler writes it.
class InitData {
public:
    InitData& entry(int controlId, int message, std::string_view bytes, std::uint32_t length) {
        word(controlId);
        word(message);
        word(static_cast<int>(length & 0xFFFF));
        word(static_cast<int>(length >> 16));
        data.insert(data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // A string with its zero, its length counting the zero.
    InitData& string(int controlId, int message, std::string_view text) {
        std::string withZero(text);
        withZero.push_back('\0');
        return entry(controlId, message, withZero, static_cast<std::uint32_t>(withZero.size()));
    }
    InitData& end() { return word(0); }
    InitData& raw(std::initializer_list<std::uint8_t> bytes) {
        data.insert(data.end(), bytes);
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return data; }

private:
    InitData& word(int value) {
        data.push_back(static_cast<std::uint8_t>(value & 0xFF));
        data.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
        return *this;
    }
    std::vector<std::uint8_t> data;
};

TEST(DialogInitData, SpeedBoxItemsInTheirOrder) {
    InitData data;
    data.string(1002, addToComboBox, "High").string(1002, addToComboBox, "Low").end();
    // Entries follow each other unaligned: the first one is 13 bytes long.
    ASSERT_EQ(data.bytes().size(), 2u + 13u + 12u);
    std::vector<DialogInitEntry> expected = {{1002, addToComboBox, "High"},
                                             {1002, addToComboBox, "Low"}};
    EXPECT_EQ(parseDialogInitData(data.bytes()), expected);
}

TEST(DialogInitData, EndsAtAZeroControlIdOrAtTheEndOfTheData) {
    InitData terminated;
    terminated.string(7, addToListBox, "one").end().raw({0x55, 0x55, 0x55});
    EXPECT_EQ(parseDialogInitData(terminated.bytes()).size(), 1u);

    InitData unterminated;
    unterminated.string(7, addToListBox, "one").string(8, addToComboBox, "two");
    std::vector<DialogInitEntry> expected = {{7, addToListBox, "one"}, {8, addToComboBox, "two"}};
    EXPECT_EQ(parseDialogInitData(unterminated.bytes()), expected);

    EXPECT_TRUE(parseDialogInitData({}).empty());
}

TEST(DialogInitData, TheStringEndsAtItsFirstZero) {
    InitData data;
    data.entry(5, addToComboBox, std::string_view("ab\0cd\0", 6), 6)
        .entry(6, addToComboBox, "xyz", 3)
        .entry(7, addToComboBox, "", 0)
        .end();
    std::vector<DialogInitEntry> expected = {
        {5, addToComboBox, "ab"}, {6, addToComboBox, "xyz"}, {7, addToComboBox, ""}};
    EXPECT_EQ(parseDialogInitData(data.bytes()), expected);
}

TEST(DialogInitData, DataThatBreaksOffInsideAnEntryIsRefused) {
    InitData shortText;
    shortText.entry(5, addToComboBox, "Hi", 5);
    EXPECT_THROW(parseDialogInitData(shortText.bytes()), InvalidArgumentError);

    // A length near 2^32 must not wrap around into a small one.
    InitData hugeLength;
    hugeLength.entry(5, addToComboBox, "High", 0xFFFFFFFFu);
    EXPECT_THROW(parseDialogInitData(hugeLength.bytes()), InvalidArgumentError);

    InitData halfHeader;
    halfHeader.string(5, addToComboBox, "High").raw({0x06, 0x00, 0x03});
    EXPECT_THROW(parseDialogInitData(halfHeader.bytes()), InvalidArgumentError);

    EXPECT_THROW(parseDialogInitData(std::vector<std::uint8_t>{0x01}), InvalidArgumentError);
}

} // namespace
} // namespace sparwick::app
