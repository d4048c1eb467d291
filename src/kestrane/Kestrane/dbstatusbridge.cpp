#include "dbstatusbridge.h"
