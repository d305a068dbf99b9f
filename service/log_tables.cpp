#include "service/log_tables.h"
