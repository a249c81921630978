#include "platform/com/com_object.h"

namespace vorlane::com {

// Compiled into the runtime library, so it reads the runtime's own hidden counter.
long RuntimeObjectCount() noexcept { return ModuleObjectCount().load(std::memory_order_acquire); }

}  // namespace vorlane::com
