#include "app/app_state.h"

#include "app/trim_schedule.h"
#include "app/work_offline.h"

AppState App{};
