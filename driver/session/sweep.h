// Sweeps: the configurations to measure (plan.h), the interleaved runs (runner.h) and their
// summary (summary.h), on the types of results.h.
#pragma once

#include "driver/analysis/results.h"
#include "driver/analysis/summary.h"
#include "driver/base/errors.h"
#include "driver/plan/plan.h"
#include "driver/run/runner.h"
