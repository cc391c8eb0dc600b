#include "flash/UpdateOutcome.h"

#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/UserAbort.h"

namespace sparwick {

UpdateOutcome runUpdate(const std::function<void()>& update) {
    try {
        update();
        return UpdateOutcome::succeeded;
    } catch (const UserAbort&) {
        return UpdateOutcome::aborted;
    } catch (...) {
        showMessage(msg::fatalError);
        return UpdateOutcome::fatal;
    }
}

} // namespace sparwick
