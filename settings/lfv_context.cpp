// The file-location layer's process-wide context. Nothing in the program
// registers a component, so it keeps its zero-filled initial state.
#include "settings/lfv.h"

lfvContext lfvgblp{};
