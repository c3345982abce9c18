#include "host/vdevice_interface.h"

#include <json/value.h>

#include <stdexcept>

float VDeviceInterface::Get_Value(unsigned index, const std::string& key) const {
    (void)index;
    (void)key;
    throw std::out_of_range("数据未就绪");
}

int VDeviceInterface::LoadFromCache(const std::string& bytes) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<int>(bytes.size()));
}

int VDeviceInterface::LoadFromCache(const unsigned char* data, int length) {
    (void)data;
    (void)length;
    return 0;
}

int VDeviceInterface::DeviceIoControl(int code, const void* request, int request_length,
                                      void* output, int output_size, int& output_length) {
    (void)code;
    (void)request;
    (void)request_length;
    (void)output;
    (void)output_size;
    (void)output_length;
    return 0;
}

VDeviceInterface::~VDeviceInterface() = default;

void VDeviceInterface::InitV(SMDVDevice* parent, unsigned index, const Json::Value& entry) {
    (void)entry;
    parent_ = parent;
    index_ = index;
}

void VDeviceInterface::Init(std::weak_ptr<SMDController> controller, unsigned index,
                            const Json::Value& entry) {
    controller_ = std::move(controller);
    index_ = index;
    if (!entry.isObject()) return;
    if (entry["name"].isString()) name_ = entry["name"].asString();
    const Json::Value& id = entry["data_id"];
    if (id.isUInt()) data_id_ = id.asUInt();
}

int VDeviceInterface::InitSetting(const Json::Value& entry) {
    (void)entry;
    return 1;
}
