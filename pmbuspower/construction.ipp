// Construction of the driver family: option defaults and the line settings.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
pmbuspower_419<DataT, DataID>::pmbuspower_419()
    : io_result_(-1),
      cg(1),
      data_flag_(0),
      has_ac(true),
      has_dc(false),
      no_dc_number(-1),
      has_a(true),
      has_b(true),
      has_c(true),
      dc_i_adjust(1),
      ac_line(1),
      ac_type(0),
      use_float_(true),
      skip_41_41(0),
      has_tower(false),
      no_40_arg(0),
      no_42_arg(0),
      divisor_(100),
      dc_number(0),
      open_41_43(0) {
    this->baud_rate_ = 9600;
    this->serial_flag_ = 1;
    this->protocol_ver_ = 0x20;
}

template <class DataT, uint32_t DataID>
pmbuspower_419<DataT, DataID>::~pmbuspower_419() = default;
