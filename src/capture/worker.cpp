#include "capture/worker.h"

namespace qv {

Worker::Worker(const Settings& s, LinkType link, CaptureStats& stats, const WatchedNetwork& watched,
               uint64_t table_seed, uint64_t stream_seed, uint64_t zone_seed)
    : table_(s.bucket_count, table_seed, s.zone_threshold > 0 ? s.zone_count : 0,
             s.count_answers != 0),
      streams_(stream_seed),
      watched_(watched) {
    if (s.zone_threshold > 0) zones_ = std::make_unique<ZoneFinder>(zone_seed);
    ctx_.link = link;
    ctx_.dump_packets = s.dump_packets != 0;
    ctx_.prefixes = source_prefixes(s);
    ctx_.table = &table_;
    ctx_.streams = &streams_;
    ctx_.stats = &stats;
    ctx_.zones = zones_.get();
    if (s.count_answers) ctx_.watched = &watched_;
}

}  // namespace qv
