// level_check_link.cpp: compiles the shared level list checker into this folder's support
// library (the common test library holds only the generators).
#include "common/level_check.cpp"  // NOLINT(bugprone-suspicious-include)
