// kelvor.ini beside the executable: the cache directory, the cache size and the trim period.
#pragma once

// Fills CacheDir, CacheSizeMB and TrimIntervalMin from kelvor.ini, or from the older
// polipo.ini when kelvor.ini is absent, or from the defaults. Never creates a file.
void LoadSettings();

// Writes "cache dir" and "cache size" to kelvor.ini; the trim period is only ever hand-edited.
void SaveSettings();
