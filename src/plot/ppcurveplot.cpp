#include "ppcurveplot.h"
