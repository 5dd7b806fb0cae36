// The events tests compile this file (their seam lives in the header).
#include "server_test_support.h"
