// The Modbus TCP server's parts: the request parser on good and malformed
// frames, the register map against the record field table, and the unit id
// of each device.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "record/record_fields.h"
#include "tools/smdgw/core/config_keys.h"
#include "tools/smdgw/modbus/modbus_request.h"
#include "tools/smdgw/modbus/modbus_units.h"
#include "tools/smdgw/modbus/register_map.h"

namespace {

using namespace smdgw::modbus;

using Bytes = std::vector<uint8_t>;

// An MBAP frame: transaction 0x1234, protocol 0, the length of unit and PDU.
Bytes frame(uint8_t unit, Bytes pdu, uint16_t protocol = 0) {
    const size_t length = pdu.size() + 1;
    Bytes f = {0x12, 0x34, static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol),
               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), unit};
    for (uint8_t b : pdu) f.push_back(b);
    return f;
}

Bytes read_pdu(uint8_t function, uint16_t address, uint16_t quantity) {
    return {function, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
            static_cast<uint8_t>(quantity >> 8), static_cast<uint8_t>(quantity)};
}

struct ParseCase {
    const char* what;
    Bytes bytes;
    Framing framing;
    Access access;
    uint8_t exception;
};

TEST(ModbusRequest, FramesGoodAndMalformed) {
    Bytes long_length = frame(1, read_pdu(3, 0, 1));
    long_length[4] = 0x00;
    long_length[5] = 0xFF;  // 255: one more than unit and the longest PDU
    Bytes short_length = frame(1, read_pdu(3, 0, 1));
    short_length[5] = 1;  // a unit id without a function code
    Bytes huge_length = frame(1, read_pdu(3, 0, 1));
    huge_length[4] = 0xFF;
    const ParseCase cases[] = {
        {"read holding registers", frame(1, read_pdu(3, 100, 2)), Framing::Complete,
         Access::Registers, 0},
        {"read input registers, the most at once", frame(1, read_pdu(4, 0, 125)),
         Framing::Complete, Access::Registers, 0},
        {"read coils", frame(1, read_pdu(1, 0, 2000)), Framing::Complete, Access::Bits, 0},
        {"read discrete inputs", frame(247, read_pdu(2, 8, 3)), Framing::Complete, Access::Bits, 0},
        {"126 registers", frame(1, read_pdu(3, 0, 126)), Framing::Complete, Access::Registers,
         kIllegalDataValue},
        {"no register", frame(1, read_pdu(4, 0, 0)), Framing::Complete, Access::Registers,
         kIllegalDataValue},
        {"2001 bits", frame(1, read_pdu(2, 0, 2001)), Framing::Complete, Access::Bits,
         kIllegalDataValue},
        {"past address 65535", frame(1, read_pdu(3, 65535, 2)), Framing::Complete,
         Access::Registers, kIllegalDataAddress},
        {"the last address", frame(1, read_pdu(3, 65535, 1)), Framing::Complete,
         Access::Registers, 0},
        {"a read with a byte too many", frame(1, {3, 0, 0, 0, 1, 0}), Framing::Complete,
         Access::Registers, kIllegalDataValue},
        {"a read cut short", frame(1, {3, 0, 0}), Framing::Complete, Access::Registers,
         kIllegalDataValue},
        {"write single coil", frame(1, {5, 0, 0, 0xFF, 0}), Framing::Complete, Access::Write,
         kIllegalFunction},
        {"write single register", frame(1, {6, 0, 100, 0, 1}), Framing::Complete, Access::Write,
         kIllegalFunction},
        {"write multiple coils", frame(1, {15, 0, 0, 0, 1, 1, 1}), Framing::Complete,
         Access::Write, kIllegalFunction},
        {"write multiple registers", frame(1, {16, 0, 0, 0, 1, 2, 0, 7}), Framing::Complete,
         Access::Write, kIllegalFunction},
        {"mask write register", frame(1, {22, 0, 0, 0, 0, 0, 0}), Framing::Complete,
         Access::Write, kIllegalFunction},
        {"read/write registers", frame(1, {23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0}),
         Framing::Complete, Access::Write, kIllegalFunction},
        {"read exception status", frame(1, {7}), Framing::Complete, Access::Other,
         kIllegalFunction},
        {"an exception code as a request", frame(1, {0x83, 2}), Framing::Complete,
         Access::Other, kIllegalFunction},
        {"header only", Bytes{0x12, 0x34, 0, 0, 0, 6}, Framing::Incomplete, Access::Other, 0},
        {"five bytes", Bytes{0x12, 0x34, 0, 0, 0}, Framing::Incomplete, Access::Other, 0},
        {"nothing", Bytes{}, Framing::Incomplete, Access::Other, 0},
        {"protocol identifier 1", frame(1, read_pdu(3, 0, 1), 1), Framing::BadProtocol,
         Access::Other, 0},
        {"HTTP on the port", Bytes{'G', 'E', 'T', ' ', '/', ' '}, Framing::BadProtocol,
         Access::Other, 0},
        {"length 255", long_length, Framing::BadLength, Access::Other, 0},
        {"length 1", short_length, Framing::BadLength, Access::Other, 0},
        {"length 65286", huge_length, Framing::BadLength, Access::Other, 0},
    };
    for (const ParseCase& c : cases) {
        Request r;
        const Framing f = parse_request(c.bytes.data(), c.bytes.size(), r);
        EXPECT_EQ(f, c.framing) << c.what;
        if (f != Framing::Complete) continue;
        EXPECT_EQ(r.frame_bytes, c.bytes.size()) << c.what;
        EXPECT_EQ(r.transaction, 0x1234) << c.what;
        EXPECT_EQ(r.unit, c.bytes[6]) << c.what;
        EXPECT_EQ(r.access, c.access) << c.what;
        EXPECT_EQ(r.exception, c.exception) << c.what;
    }
    // Two requests in one read: the first is taken alone, its length from its header.
    Bytes two = frame(1, read_pdu(3, 100, 2));
    const Bytes second = frame(2, read_pdu(4, 200, 4));
    for (uint8_t b : second) two.push_back(b);
    Request r;
    ASSERT_EQ(parse_request(two.data(), two.size(), r), Framing::Complete);
    EXPECT_EQ(r.frame_bytes, 12u);
    EXPECT_EQ(r.address, 100);
    EXPECT_EQ(r.quantity, 2);
    ASSERT_EQ(parse_request(two.data() + 12, two.size() - 12, r), Framing::Complete);
    EXPECT_EQ(r.unit, 2);
    EXPECT_EQ(r.address, 200);
    // A frame cut anywhere is incomplete, never misread.
    for (size_t n = 0; n < 12; ++n)
        EXPECT_EQ(parse_request(two.data(), n, r), Framing::Incomplete) << n << " bytes";
}

TEST(ModbusRegisterMap, RowsComeFromTheRecordFieldTableAndNeverOverlap) {
    std::set<size_t> registers;
    for (const MapRow& r : kRegisterMap) {
        if (r.source == Source::Record) {
            const veltra::RecordField* s = *r.section ? veltra::find_path(r.section) : nullptr;
            EXPECT_TRUE(!*r.section || s) << r.section;
            const veltra::RecordField* f =
                veltra::find_field(s ? s->element : veltra::Group::Record, r.member);
            ASSERT_NE(f, nullptr) << r.section << "." << r.member;
            EXPECT_STREQ(f->unit, r.unit) << r.member;
            // Every instance and entry lies within the struct's and member's length.
            EXPECT_LE(r.instances, s ? s->size : 1u) << r.member;
            EXPECT_LE(r.entries, f->size) << r.member;
            EXPECT_TRUE(f->type == veltra::FieldType::F32 || f->type == veltra::FieldType::U8)
                << r.member;
        } else {
            EXPECT_NE(r.what, nullptr) << r.member;
        }
        for (size_t i = 0; i < r.instances; ++i)
            for (size_t k = 0; k < r.entries; ++k)
                for (size_t w = 0; w < register_width(r.type); ++w) {
                    const size_t at = r.address + i * r.stride + k * register_width(r.type) + w;
                    EXPECT_TRUE(registers.insert(at).second)
                        << value_name(r, i, k) << " overlaps at register " << at;
                }
    }
    std::set<size_t> bits;
    for (const BitRow& b : kAlarmBits)
        for (size_t i = 0; i < b.instances; ++i)
            for (size_t k = 0; k < b.entries; ++k)
                EXPECT_TRUE(bits.insert(b.index + i * b.stride + k).second)
                    << bit_name(b, i, k) << " overlaps";
    EXPECT_EQ(*registers.rbegin() + 1, kRegisterCount);
    EXPECT_EQ(*bits.rbegin() + 1, kBitCount);
}

TEST(ModbusRegisterMap, ALiveDeviceFillsItsValuesInEitherWordOrder) {
    smdgw::DeviceState d;
    d.data_state = DataState::Live;
    d.shown_record.assign(kRecordSize, 0);
    d.record = d.shown_record;
    for (auto& s : d.sections) {
        s.state = smd::Freshness::Fresh;
        s.refreshed_at = 1;
    }
    d.has_live_round = true;
    d.last_live_time = 1;
    store_le_f32(d.shown_record.data() + offsetof(veltra_record_t, dc) + offsetof(veltra_dc_t, v),
                 -53.48f);
    d.shown_record[offsetof(veltra_record_t, channel_count)] = 1;
    store_le_f32(d.shown_record.data() + offsetof(veltra_record_t, channels), 12.5f);
    d.record = d.shown_record;
    const std::optional<smdgw::BatteryView> none;
    std::vector<uint16_t> big(kRegisterCount), little(kRegisterCount);
    fill_registers({d, none, WordOrder::Big}, big.data());
    fill_registers({d, none, WordOrder::Little}, little.data());
    EXPECT_EQ(big[0], 1);  // live
    EXPECT_EQ(static_cast<int16_t>(big[100]), -5348);
    uint32_t bits;
    const float v = -53.48f;
    std::memcpy(&bits, &v, sizeof bits);
    EXPECT_EQ(big[224], bits >> 16);
    EXPECT_EQ(big[225], bits & 0xFFFF);
    EXPECT_EQ(little[224], bits & 0xFFFF);
    EXPECT_EQ(little[225], bits >> 16);
    // Module 1 reported, module 2 not: a value, then NaN.
    const float out_i = 12.5f;
    std::memcpy(&bits, &out_i, sizeof bits);
    EXPECT_EQ(big[300], bits >> 16);
    EXPECT_EQ(big[302], 0x7FC0);
    // Without a battery estimate: none, not zero.
    EXPECT_EQ(big[114], 0xFFFF);
    EXPECT_EQ(big[5], 0);
    // Between rows.
    EXPECT_EQ(big[50], 0xFFFF);
}

smdgw::GatewayConfig two_devices(const Json::Value& first, const Json::Value& second) {
    smdgw::GatewayConfig cfg;
    for (const Json::Value* e : {&first, &second}) {
        smdgw::DeviceConfig d;
        d.name = (*e)["name"].asString();
        d.address = (*e)["address"].isNull() ? -1 : (*e)["address"].asInt();
        d.entry = *e;
        cfg.devices.push_back(d);
    }
    return cfg;
}

Json::Value device(const std::string& name, int address, int unit = 0,
                   const std::string& order = "") {
    Json::Value d;
    d["name"] = name;
    if (address >= 0) d["address"] = address;
    if (unit > 0) d["modbus_unit"] = unit;
    if (!order.empty()) d["modbus_word_order"] = order;
    return d;
}

TEST(ModbusUnits, AddressOrModbusUnitAndTheirErrors) {
    std::vector<Unit> units;
    std::vector<std::string> errors;
    EXPECT_TRUE(modbus_units(two_devices(device("p1", 1), device("p2", 2, 40, "little")), units,
                             errors));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].id, 1);
    EXPECT_EQ(units[0].order, WordOrder::Big);
    EXPECT_EQ(units[1].id, 40);
    EXPECT_EQ(units[1].order, WordOrder::Little);
    const struct {
        Json::Value a, b;
        const char* error;
    } bad[] = {
        {device("p1", 1), device("p2", 3, 1),
         "--modbus-listen: devices \"p1\" and \"p2\" both answer unit id 1; give one of them "
         "another \"modbus_unit\" (1 to 247)"},
        {device("p1", 0), device("p2", 2),
         "--modbus-listen: device \"p1\" has \"address\" 0, not a Modbus unit id; give it "
         "\"modbus_unit\" (1 to 247)"},
        {device("p1", 250), device("p2", 2),
         "--modbus-listen: device \"p1\" has \"address\" 250, not a Modbus unit id; give it "
         "\"modbus_unit\" (1 to 247)"},
        {device("p1", -1), device("p2", 2),
         "--modbus-listen: device \"p1\" has no \"address\"; give it \"modbus_unit\" (1 to 247)"},
    };
    for (const auto& c : bad) {
        units.clear();
        errors.clear();
        EXPECT_FALSE(modbus_units(two_devices(c.a, c.b), units, errors));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], c.error);
    }
    // The configuration's check names the key and the value.
    const struct {
        const char* key;
        Json::Value value;
        const char* error;
    } keys[] = {
        {"modbus_unit", 0, "\"modbus_unit\" must be an integer 1 to 247 (is 0)"},
        {"modbus_unit", 248, "\"modbus_unit\" must be an integer 1 to 247 (is 248)"},
        {"modbus_unit", "3", "\"modbus_unit\" must be an integer 1 to 247 (is \"3\")"},
        {"modbus_word_order", "middle",
         "\"modbus_word_order\" must be \"big\" (high word first) or \"little\" (is \"middle\")"},
    };
    for (const auto& k : keys) {
        Json::Value d = device("p1", 1);
        d[k.key] = k.value;
        smdgw::EntryFindings found;
        smdgw::check_device_entry(d, found);
        ASSERT_EQ(found.errors.size(), 1u) << k.key;
        EXPECT_EQ(found.errors[0], k.error);
    }
    Json::Value ok = device("p1", 1, 247, "big");
    smdgw::EntryFindings found;
    smdgw::check_device_entry(ok, found);
    EXPECT_TRUE(found.errors.empty()) << found.errors[0];
}

}  // namespace
