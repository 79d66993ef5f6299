// STUB: replaced by renaming.
#include "naming.h"
namespace tavrik {
int rename_flow(const char*, int, const char*) { set_error("not implemented"); return 0; }
int batch_flow(const char*, const char*, int) { set_error("not implemented"); return 0; }
}
