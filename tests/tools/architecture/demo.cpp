// The demo alone includes the view.
#include "driver_view.h"
