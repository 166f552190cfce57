// What a run did and met, counted as it goes.
#include "report/run_report.h"

run_report report{};

void reset_report() {
    report = run_report{};
}
