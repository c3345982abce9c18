// The data snapshot the configured thresholds are evaluated against: one
// number per float field of the live record, named by its path in the record
// ("out_v", "ac.ia", "channels[3].p41_41[0]", "dc2.v"), taken from the
// record's field table. Array entries and sections are taken up to their
// count, bounded by the array size; panel 2 when the plant has two.

#include <string>
#include <type_traits>

#include "pmbuspower/pmbuspower_419.h"
#include "record/record_fields.h"

namespace veltra::json_snapshot {

template <class RecordT>
Json::Value record_snapshot(const RecordT& rec, bool second_panel) {
    static_assert(std::is_same<RecordT, veltra_record_t>::value,
                  "the field table describes this record");
    static const RecordField* const panel2 = find_path("dc2");
    Json::Value out(Json::objectValue);
    for_each_value(reinterpret_cast<const unsigned char*>(&rec), Sections::AsReported,
                   [&](const RecordValue& v) {
                       if (!v.valid || v.field->type != FieldType::F32) return;
                       if (v.section == panel2 && !second_panel) return;
                       out[value_path(v)] = load_le_f32(v.at);
                   });
    return out;
}

}  // namespace veltra::json_snapshot

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::GenJsonData() {
    Json::Value snapshot = veltra::json_snapshot::record_snapshot(this->cData, dc_number > 1);
    this->json_data_.swap(snapshot);
}
