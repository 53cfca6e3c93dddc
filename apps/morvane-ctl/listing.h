// Looking at the filters the way a client does: device interfaces, pins, data ranges,
// picture controls and the decoder's standard. Each step fills a text and a JSON report.
#pragma once

#include <string>
#include <vector>

#include "json.h"
#include "rig.h"

namespace ctl {

struct Report {
  std::string text;
  Json json = Json::object();
};

// The filters a selection covers (the whole machine when `device` is empty).
std::vector<FilterId> SelectedFilters(const Rig &rig, const std::string &device);

std::string SubtypeName(const GUID &subtype);
// STATUS_* names of the codes a client meets ("" for others).
std::string StatusName(NTSTATUS status);
// KS_AnalogVideo_* names: "NTSC_M", "PAL_B", ...; the value in hex for anything else.
std::string StandardName(uint32_t standard);
// "pal", "ntsc", "secam", a name as above or a number; false when unknown.
bool ParseStandard(const std::string &text, uint32_t *standard);

// Runs every inspection the options ask for, in a fixed order: sets first (controls,
// standard), then the listings and gets. Throws UsageError for bad names and values.
void Inspect(Rig &rig, const Options &options, Report *report);

}  // namespace ctl
