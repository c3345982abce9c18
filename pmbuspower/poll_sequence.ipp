// The family's own poll sequence, when it is the master on the line.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::RefreshStatus() {
    return 0;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::process_payload() {
    return 1;
}
