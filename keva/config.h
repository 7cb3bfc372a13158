// kevad.ini: read once at start-up into one case-insensitive table whose keys
// are "section.name" (and "section" = "true" for every section present).
#pragma once
#include <apr_pools.h>

// Loads the file into a table in pool (the root pool). 0, or -1 on a syntax
// error (logged as "<path>:<line>: invalid config file"). A missing file
// gives an empty table.
int config_load(apr_pool_t* pool, const char* path);
// The value or def.
const char* config_get_string(const char* key, const char* def);
// Like config_get_string, then resolved against the data folder unless it
// begins with "/". NULL only when both value and default are NULL.
const char* config_get_path(const char* key, const char* def);
// As config_get_path, for files the service writes: a value that leads out of
// the data folder is refused (logged) and def, taken in the data folder, used.
const char* config_get_data_path(const char* key, const char* def);
// Leading decimal number of the value (0 when none); def when absent.
int config_get_int(const char* key, int def);
// Forgets the table (tests).
void config_clear(void);

// Parses INI text. Returns 0, or the 1-based line number of the first syntax
// error. Calls visit(section, name, value) for entries, name NULL for a
// section header; entries before any header have section NULL.
typedef void (*config_visit_fn)(void* ctx, const char* section, const char* name, const char* value);
long config_parse_text(const char* text, size_t len, config_visit_fn visit, void* ctx);
