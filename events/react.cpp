// Shutdown reactions and countdowns.
#include "events/react.h"

ReactSettings ReactSetting;
