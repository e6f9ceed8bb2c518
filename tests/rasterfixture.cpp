#include "rasterfixture.h"
