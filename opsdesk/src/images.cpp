#include "images.h"

#include "embedded_images.h"

#include <wx/image.h>
#include <wx/mstream.h>

namespace {

wxBitmap FromPng(const unsigned char* data, size_t size)
{
    wxMemoryInputStream stream(data, size);
    wxImage image(stream, wxBITMAP_TYPE_PNG);
    return image.IsOk() ? wxBitmap(image) : wxBitmap();
}

template <typename Handler>
void AddHandler(wxBitmapType type)
{
    if (!wxImage::FindHandler(type))
        wxImage::AddHandler(new Handler);
}

} // namespace

void RegisterImageHandlers()
{
    AddHandler<wxPNGHandler>(wxBITMAP_TYPE_PNG);
    AddHandler<wxBMPHandler>(wxBITMAP_TYPE_BMP);
    AddHandler<wxJPEGHandler>(wxBITMAP_TYPE_JPEG);
    AddHandler<wxGIFHandler>(wxBITMAP_TYPE_GIF);
    AddHandler<wxXPMHandler>(wxBITMAP_TYPE_XPM);
}

wxBitmap LogoBitmap()
{
    return FromPng(kLogoPng, kLogoPngSize);
}

wxIcon StatIcon()
{
    wxIcon icon;
    const wxBitmap bitmap = FromPng(kIconPng, kIconPngSize);
    if (bitmap.IsOk())
        icon.CopyFromBitmap(bitmap);
    return icon;
}
