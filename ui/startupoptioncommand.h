#pragma once

#include <functional>

class CTrelvaneDoc;
class QWidget;

// The document's Startup Option command: edits the four startup options of
// doc in the Startup Option dialog. On OK it copies them back and calls
// setModified (which sets the document's modified flag), also when nothing
// was changed; any other end changes nothing. A running gateway is left
// alone: it reads the options at its next use. Returns true on OK.
bool OnStartupOption(CTrelvaneDoc& doc, QWidget* pParent,
                     const std::function<void()>& setModified);
