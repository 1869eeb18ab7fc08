#include "api/driver_state.h"

namespace ostrel {

constinit DriverState driverState;

}  // namespace ostrel
