#pragma once
// The device interface the gateway calls. The order of the virtual operations
// across VDeviceInterface, SMDVDevice, SMDSPDevice and PMBusProtocol is the
// slot order plug-ins are built against: do not reorder.

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SMDController;
class SMDVDevice;

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

class VDeviceInterface {
   public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // Throws std::out_of_range("数据未就绪") until a driver serves values.
    virtual float Get_Value(unsigned index, const std::string& key) const;
    virtual int LoadFromCache(const std::string& bytes);
    virtual int LoadFromCache(const unsigned char* data, int length);
    virtual uint32_t DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int code, const void* request, int request_length, void* output,
                                int output_size, int& output_length);
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db_; }
    virtual ~VDeviceInterface();
    virtual int Reset() { return 1; }
    virtual void InitV(SMDVDevice* parent, unsigned index, const Json::Value& entry);
    virtual void Init(std::weak_ptr<SMDController> controller, unsigned index,
                      const Json::Value& entry);
    virtual int InitSetting(const Json::Value& entry);
    virtual bool IsSupportDevice(const std::string& type) const { return type == device_type_; }

    // The device's name in the gateway configuration (used in events and logs).
    const std::string& Name() const { return name_; }

   protected:
    uint32_t data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
    std::string name_;
    unsigned index_ = 0;
    SMDVDevice* parent_ = nullptr;
    std::weak_ptr<SMDController> controller_;
};
