// Caret-framed serial protocol driver.
#include "ups/caret.h"

UpsProtocolOps CaretOps;
