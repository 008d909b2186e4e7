#pragma once
#include "windowdriver.h" // the window fixtures moved to tests/support
