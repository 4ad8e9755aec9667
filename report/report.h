// The run report and progress of one extraction on the calling thread: the passes
// run with their times, the rows written per table and kind, and progress of long
// passes. The host reads it through the environment (the component's only outward
// channel besides its result): $TALLYPORT_REPORT names a file that receives the
// report as JSON when the run ends; $TALLYPORT_PROGRESS=1 draws progress on stderr.
#pragma once

#include <cstdint>
#include <string_view>

namespace report {

void BeginRun(std::string_view class_name);
// Ends the pass in hand (if any) and starts timing the next.
void BeginPass(std::string_view pass);
// Rows written: table and kind ("opening", "cumulative", "movement", "cash line").
void CountRows(std::string_view table, std::string_view kind, int64_t rows = 1);
// Progress within the pass in hand: rows done of rows known (known 0: unknown).
void Progress(int64_t done, int64_t known);
// Writes the report (see above). ok: the run's result was 0.
void EndRun(bool ok);

}  // namespace report
