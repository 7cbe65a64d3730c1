/* Every public header must stand alone as C11; including them here also
 * evaluates their layout checks in a C compiler. */
#include "qz/kernel.h"
#include "qz/status.h"
#include "qz/types.h"
#include "qzioe/extension.h"
#include "qzioe/fsops.h"
#include "qzioe/format.h"
#include "qzioe/paths.h"
#include "qzioe/runtime.h"

int qzioe_headers_c_compiled(void) {
  return (int)sizeof(QZIOEExtension);
}
