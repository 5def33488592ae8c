#include "trelvanedoc.h"

CTrelvaneDoc::CTrelvaneDoc() = default;
