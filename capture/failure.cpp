#include "capture/failure.h"

#include "channels/messages.h"
#include "channels/output.h"

#include <string>

namespace lumatap {

void failWith(const ErrorPtr& error) {
    if (!error) {
        fail(unknownErrorLine);
    }
    if (error->domain == streamErrorDomain && error->code == userDeclinedCode) {
        fail(permissionLine, statusNotAllowed);
    }
    fail(std::string(errorPrefix) + error->description);
}

} // namespace lumatap
