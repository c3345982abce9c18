#include "host/provider.h"

// Out-of-line destructors give the provider classes one home for their type
// information, so a gateway can recognise the providers a plug-in returns.
Provider::~Provider() {}
SMDSPDeviceProvider::~SMDSPDeviceProvider() {}
