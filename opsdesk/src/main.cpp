// The console program's entry point; everything else is in opsdesk_lib.
#include "main.h"

wxIMPLEMENT_APP(Plexord);
