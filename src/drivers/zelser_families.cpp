// The families served by the zelser library.
#include "adapter/adapter_family.h"

ZEL_ADAPTER_FAMILY(KAP);
ZEL_ADAPTER_FAMILY(KOR);
ZEL_ADAPTER_FAMILY(KUM);
