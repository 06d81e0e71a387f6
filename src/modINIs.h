// The marker switch: reads the one switch of the command line and sets or clears the marker.
#pragma once

namespace modINIs {

// The program's entry procedure: dispatches the argument text, then ends the program.
void RunEntryProcedure();

// Store `value` as the marker, or remove the marker, in settings.ini beside the executable.
void SetMarker(const char16_t* value);
void ClearMarker();

}  // namespace modINIs
