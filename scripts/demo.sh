#!/usr/bin/env bash
# The main job on the embedded default: builds Tallyport, creates the demo account
# set in ./demo, extracts a year of cash-flow lines and balance facts, and reports.
# Usage: scripts/demo.sh [demo-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$(nproc)" --target tallyport_cli tallyport_lib tallyport_compat_lib termmisc
tp=build-release/bin/tallyport
dir=${1:-demo}
rm -rf "$dir"
"$tp" demo "$dir"
"$tp" cashvouch --acc-server "$dir" --acc-db vxdata_001_2006 --olap-server "$dir" --olap-db olap \
  --begin 2006-01-01 --end 2006-12-31
"$tp" summary --acc-server "$dir" --acc-db vxdata_001_2006 --olap-server "$dir" --olap-db olap \
  --begin 2006-01-01 --end 2006-12-31
echo "demo: rows in $dir/olap.db:"
sqlite3 "$dir/olap.db" "select 'Temp_ETL_GL_CashVouch', count(*) from Temp_ETL_GL_CashVouch;
                        select 'Temp_Etl_GL_Sum', count(*) from Temp_Etl_GL_Sum;"
