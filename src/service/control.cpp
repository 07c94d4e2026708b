#include "service/control.h"

#include "state/lifecycle.h"

void ControlHandler(platform::DWORD control) { PostControl(control); }
