#include "app/DialogInitData.h"

#include "platform/FrameworkError.h"

#include <algorithm>

namespace sparwick::app {
namespace {

// Reads little-endian fields from the front of the data, refusing to run past its end.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> data)
        : rest(data) {}

    bool atEnd() const { return rest.empty(); }

    std::uint32_t take(std::size_t width) {
        std::span<const std::uint8_t> field = bytes(width);
        std::uint32_t value = 0;
        for (std::size_t i = width; i-- > 0;) {
            value = value << 8 | field[i];
        }
        return value;
    }

    std::span<const std::uint8_t> bytes(std::size_t count) {
        if (count > rest.size()) {
            throw InvalidArgumentError{};
        }
        std::span<const std::uint8_t> field = rest.first(count);
        rest = rest.subspan(count);
        return field;
    }

private:
    std::span<const std::uint8_t> rest;
};

} // namespace

std::vector<DialogInitEntry> parseDialogInitData(std::span<const std::uint8_t> bytes) {
    std::vector<DialogInitEntry> entries;
    FieldReader reader(bytes);
    while (!reader.atEnd()) {
        const auto controlId = static_cast<int>(reader.take(2));
        if (controlId == 0) {
            break;
        }
        DialogInitEntry entry;
        entry.controlId = controlId;
        entry.message = static_cast<int>(reader.take(2));
        std::span<const std::uint8_t> text = reader.bytes(reader.take(4));
        // The control is handed a C string: it ends at the first zero.
        entry.text.assign(text.begin(), std::find(text.begin(), text.end(), 0));
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace sparwick::app
