// Communication alarm: raised when no round has completed for 120 s.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::Reset() {
    return 1;
}
