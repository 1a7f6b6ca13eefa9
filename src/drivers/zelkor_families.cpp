// The family served by the zelkor library.
#include "adapter/adapter_family.h"

ZEL_ADAPTER_FAMILY(KOR);
