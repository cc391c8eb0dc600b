#pragma once

#include "platform/FrameworkError.h"

namespace sparwick {

// Ends an operation after its failure has been shown to the user. It carries no text:
// the message box has already said everything, so whoever catches it stays silent.
class UserAbort : public FrameworkError {
public:
    const char* what() const noexcept override { return "user abort"; }
};

} // namespace sparwick
