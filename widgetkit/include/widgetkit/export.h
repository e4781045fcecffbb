// Symbol visibility of the widgetkit library: everything is hidden unless
// marked, so only the classes and functions meant for the console are exported.
#ifndef WIDGETKIT_EXPORT_H
#define WIDGETKIT_EXPORT_H

#define WIDGETKIT_API __attribute__((visibility("default")))

#endif
