#include "app/app_state.h"

#include "app/trim_schedule.h"

AppState App{};
