// Decoders of the responses to the family's own polls.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_41(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_41_2(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_42(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_42_2(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_44(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_44_2(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_41(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_42(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_43(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_44(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_44(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_43(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_41(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_42(const unsigned char* p, int length) {
    (void)p;
    (void)length;
    return -1;
}
