// Sweeps: the configurations to measure (plan.h), the interleaved runs (runner.h) and their
// summary (summary.h), on the types of results.h.
#pragma once

#include "driver/errors.h"
#include "driver/plan.h"
#include "driver/results.h"
#include "driver/runner.h"
#include "driver/summary.h"
