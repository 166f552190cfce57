// The fuzz targets' properties: a broken one ends the run as a finding, like a crash.
#pragma once

// Aborts with `what` on standard error when `holds` is false.
void require(bool holds, const char* what);
