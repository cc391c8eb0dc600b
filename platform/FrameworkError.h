#pragma once

#include <exception>

namespace sparwick {

// The framework's own exceptions. A front end maps any of them that reaches it (and any
// other standard exception) to its fatal-error message; none carries text for the user.
class FrameworkError : public std::exception {
public:
    const char* what() const noexcept override { return "framework error"; }
};

// Raised when an operation is given an argument it cannot use, such as the text of a
// list item that does not exist.
class InvalidArgumentError : public FrameworkError {
public:
    const char* what() const noexcept override { return "invalid argument"; }
};

// Raised when memory for a framework object cannot be had.
class MemoryError : public FrameworkError {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

} // namespace sparwick
