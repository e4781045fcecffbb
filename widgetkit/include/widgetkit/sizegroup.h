// uxSizeGroup: gives a set of windows one common width, height or both.
#ifndef WIDGETKIT_SIZEGROUP_H
#define WIDGETKIT_SIZEGROUP_H

#include <widgetkit/export.h>

#include <vector>

class wxWindow;

class WIDGETKIT_API uxSizeGroup
{
public:
    enum SizeGroupMode { SameWidth = 0, SameHeight = 1, SameSize = 2 };

    explicit uxSizeGroup(SizeGroupMode mode);

    // The group does not own the window; it must outlive the next Resize.
    void Add(wxWindow* window);
    void Resize();

    SizeGroupMode GetMode() const { return m_mode; }

private:
    SizeGroupMode m_mode;
    std::vector<wxWindow*> m_windows;
};

#endif
