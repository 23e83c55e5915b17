#include "app/state/app_state.h"

AppState App{};
