// Images built into the program: the about box logo and the "staticon" icon
// of the frame and the tray.
#ifndef OPSDESK_IMAGES_H
#define OPSDESK_IMAGES_H

#include <wx/bitmap.h>
#include <wx/icon.h>

// PNG, BMP, JPEG, GIF and XPM; harmless when repeated.
void RegisterImageHandlers();

wxBitmap LogoBitmap();
wxIcon StatIcon();

#endif
