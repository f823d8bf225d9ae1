#include "current_error.h"

#include <new>

namespace platform {

Error currentError() {
    try {
        throw;
    } catch (const Error& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return Error(errors::kOutOfMemory);
    } catch (...) {
        return Error(errors::kAutomationError);
    }
}

}  // namespace platform
