#include "app/win32/ComboBox.h"

#include "platform/FrameworkError.h"

namespace sparwick::app {

int ComboBox::count() const {
    LRESULT n = ::SendMessageA(box, CB_GETCOUNT, 0, 0);
    return n == CB_ERR ? 0 : static_cast<int>(n);
}

int ComboBox::selectedIndex() const {
    return static_cast<int>(::SendMessageA(box, CB_GETCURSEL, 0, 0));
}

std::string ComboBox::textAt(int index) const {
    LRESULT length = ::SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) {
        throw InvalidArgumentError{};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    LRESULT copied = ::SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                    reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR) {
        throw InvalidArgumentError{};
    }
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

void ComboBox::addString(const std::string& text) {
    ::SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void ComboBox::setCurrentSelection(int index) {
    ::SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

} // namespace sparwick::app
