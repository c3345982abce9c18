// Control requests turned into protocol commands.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::DeviceIoControl(int code, const void* request,
                                                   int request_length, void* output,
                                                   int output_size, int& output_length) {
    return SMDVDevice::DeviceIoControl(code, request, request_length, output, output_size,
                                       output_length);
}
