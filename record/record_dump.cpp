#include "record/record_dump.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "host/line_text.h"

namespace {

// Each line is built in one buffer and written at once; numbers are written without the
// C locale, as a default stream writes them.
class LineBuilder {
   public:
    explicit LineBuilder(const std::string& prefix) { line_.put(prefix); }

    LineBuilder& text(const char* s) {
        line_.put(s);
        return *this;
    }

    // Counts, codes and ids as unsigned decimal numbers (never as characters).
    template <typename T, typename = std::enable_if_t<std::is_unsigned<T>::value>>
    LineBuilder& num(T v) {
        line_.put_int(v);
        return *this;
    }

    // General notation, 6 significant digits: what an ostream writes for a float by default.
    LineBuilder& num(float v) {
        line_.put_float(v);
        return *this;
    }

    // Each entry followed by one blank; an empty array writes nothing. Entries are fetched by
    // index so that no pointer into the packed record is formed.
    template <typename Get>
    LineBuilder& entries(size_t count, Get get) {
        for (size_t k = 0; k < count; ++k) {
            num(get(k));
            line_.put(' ');
        }
        return *this;
    }

    void write_to(std::ostream& os) { line_.write_line(os); }

   private:
    smd::LineText line_;
};

template <size_t A, size_t B>
void dump_ac(const tele_c_pmbuspower_ac<A, B>& ac, const std::string& prefix, std::ostream& os) {
    LineBuilder b(prefix);
    b.text(".data_id=")
        .num(ac.data_id)
        .text(" ia=")
        .num(ac.ia)
        .text(" ib=")
        .num(ac.ib)
        .text(" ic=")
        .num(ac.ic)
        .text(" channel_count=")
        .num(ac.channel_count)
        .text(" airlock_count=")
        .num(ac.airlock_count)
        .text(" airlock_status=")
        .entries(ac.AIRLOCK_MAX(), [&](size_t k) { return ac.airlock_status[k]; })
        .text("p40_43_count=")
        .num(ac.p40_43_count)
        .text(" p40_43=")
        .entries(ac.P40_43_SIZE(), [&](size_t k) { return ac.p40_43[k]; })
        .text("ia_alert=")
        .num(ac.ia_alert)
        .text(" ib_alert=")
        .num(ac.ib_alert)
        .text(" ic_alert=")
        .num(ac.ic_alert)
        .write_to(os);
}

template <size_t A, size_t B>
void dump_ac_channel(const tele_c_pmbuspower_ac_channel<A, B>& ch, const std::string& prefix,
                     std::ostream& os) {
    LineBuilder b(prefix);
    b.text(".a=")
        .num(ch.a)
        .text(" b=")
        .num(ch.b)
        .text(" c=")
        .num(ch.c)
        .text(" f=")
        .num(ch.f)
        .text(" p40_41_count=")
        .num(ch.p40_41_count)
        .text(" p40_41=")
        .entries(ch.P40_41_SIZE(), [&](size_t k) { return ch.p40_41[k]; })
        .text("alert_a=")
        .num(ch.alert_a)
        .text(" alert_b=")
        .num(ch.alert_b)
        .text(" alert_c=")
        .num(ch.alert_c)
        .text(" alert_f=")
        .num(ch.alert_f)
        .text(" p40_44_count=")
        .num(ch.p40_44_count)
        .text(" p40_44=")
        .entries(ch.p40_44_SIZE(), [&](size_t k) { return ch.p40_44[k]; })
        .write_to(os);
}

template <size_t M, size_t N, size_t P, size_t AM, size_t AP>
void dump_dc(const tele_c_pmbuspower_dc<M, N, P, AM, AP>& dc, const std::string& prefix,
             std::ostream& os) {
    LineBuilder b(prefix);
    b.text(".data_id=")
        .num(dc.data_id)
        .text(" v=")
        .num(dc.v)
        .text(" i=")
        .num(dc.i)
        .text(" m=")
        .num(dc.m)
        .text(" dc_i=")
        .entries(dc.M_SIZE(), [&](size_t k) { return dc.dc_i[k]; })
        .text("n=")
        .num(dc.n)
        .text(" channel=")
        .entries(dc.N_SIZE(), [&](size_t k) { return dc.channel[k]; })
        .text("p_count=")
        .num(dc.p_count)
        .text(" p=")
        .entries(dc.P_SIZE(), [&](size_t k) { return dc.p[k]; })
        .text("alert_v=")
        .num(dc.alert_v)
        .text(" alert_m_count=")
        .num(dc.alert_m_count)
        .text(" alert_m=")
        .entries(dc.ALERT_M_SIZE(), [&](size_t k) { return dc.alert_m[k]; })
        .text("alert_p_count=")
        .num(dc.alert_p_count)
        .text(" alert_p=")
        .entries(dc.ALERT_P_SIZE(), [&](size_t k) { return dc.alert_p[k]; })
        .write_to(os);
    dump_ttime(dc.update_time, prefix + ".update_time", os);
}

}  // namespace

void dump_ttime(const ttime& t, const std::string& prefix, std::ostream& os) {
    if (!os.good()) return;
    LineBuilder b(prefix);
    b.text(".year=")
        .num(t.year)
        .text(" month=")
        .num(t.month)
        .text(" day=")
        .num(t.day)
        .text(" hour=")
        .num(t.hour)
        .text(" minute=")
        .num(t.minute)
        .text(" second=")
        .num(t.second)
        .write_to(os);
}

void dump_rc_channel(const veltra_rc_channel_t& ch, const std::string& prefix, std::ostream& os) {
    if (!os.good()) return;
    LineBuilder b(prefix);
    b.text(".out_i=")
        .num(ch.out_i)
        .text(" p41_41_count=")
        .num(ch.p41_41_count)
        .text(" p41_41=")
        .entries(ch.P41_41_SIZE(), [&](size_t k) { return ch.p41_41[k]; })
        .text("shutdown=")
        .num(ch.shutdown)
        .text(" i_limit=")
        .num(ch.i_limit)
        .text(" charge=")
        .num(ch.charge)
        .text(" p41_43_count=")
        .num(ch.p41_43_count)
        .text(" p41_43=")
        .entries(ch.P41_43_SIZE(), [&](size_t k) { return ch.p41_43[k]; })
        .text("fault=")
        .num(ch.fault)
        .text(" p41_44_count=")
        .num(ch.p41_44_count)
        .text(" p41_44=")
        .entries(ch.P41_44_SIZE(), [&](size_t k) { return ch.p41_44[k]; })
        .write_to(os);
}

void dump_record(const veltra_quelm_k418t_419_Data_t& rec, const std::string& prefix,
                 std::ostream& os) {
    // A stream that writes nothing (the host does not keep the log) gets no formatting.
    if (!os.good()) return;
    {
        LineBuilder b(prefix);
        b.text(".data_id=")
            .num(rec.data_id)
            .text(" out_v=")
            .num(rec.out_v)
            .text(" channel_count=")
            .num(rec.channel_count)
            .write_to(os);
    }

    const std::string ac_prefix = prefix + ".ac";
    dump_ac(rec.ac, ac_prefix, os);
    dump_ttime(rec.ac.update_time, ac_prefix + ".update_time", os);

    // One prefix buffer for all entries of an array: only the index changes.
    std::string entry = prefix + ".ac_channels[";
    const size_t ac_head = entry.size();
    for (size_t i = 0; i < kAcChannels; ++i) {
        entry.resize(ac_head);
        entry += std::to_string(i) + "]";
        dump_ac_channel(rec.ac_channels[i], entry, os);
    }
    entry = prefix + ".channels[";
    const size_t rc_head = entry.size();
    for (size_t j = 0; j < kRcChannels; ++j) {
        entry.resize(rc_head);
        entry += std::to_string(j) + "]";
        dump_rc_channel(rec.channels[j], entry, os);
    }

    dump_dc(rec.dc, prefix + ".dc", os);
    dump_ttime(rec.update_time, prefix + ".update_time", os);
    dump_dc(rec.dc2, prefix + ".dc2", os);
}
