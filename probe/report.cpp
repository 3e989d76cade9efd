#include "probe/report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace orvane::probe {

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  // A host name can make a line of any length, so the text is measured first.
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

unsigned long long Ull(std::uint64_t n) {
  return static_cast<unsigned long long>(n);
}

double PerSecond(double amount, double seconds) {
  return seconds > 0 ? amount / seconds : 0;
}

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
  return PerSecond(static_cast<double>(bytes), seconds) / 1e6;
}

// Builds one JSON object, member by member.
class JsonObject {
 public:
  JsonObject& Text(const char* key, const std::string& value) {
    return Raw(key, JsonString(value));
  }
  JsonObject& Count(const char* key, std::uint64_t value) {
    return Raw(key, Format("%llu", Ull(value)));
  }
  JsonObject& CountOrNull(const char* key, const std::optional<std::uint64_t>& value) {
    return value ? Count(key, *value) : Raw(key, "null");
  }
  // Three decimals are enough for seconds, megabytes and microseconds alike; JSON has no
  // infinity or NaN, so such a value becomes null.
  JsonObject& Real(const char* key, double value) {
    return Raw(key, std::isfinite(value) ? Format("%.3f", value) : "null");
  }
  JsonObject& Raw(const char* key, const std::string& value) {
    text_ += text_.empty() ? "{" : ",";
    text_ += JsonString(key);
    text_ += ':';
    text_ += value;
    return *this;
  }
  JsonObject& Where(const char* mode, const Target& target) {
    return Text("mode", mode)
        .Text("host", target.host)
        .Text("address", target.address)
        .Count("port", target.port);
  }
  std::string Close() { return text_ + "}\n"; }

 private:
  std::string text_;
};

std::string RttJson(const std::optional<RttSummary>& rtt) {
  if (!rtt) {
    return R"({"min":null,"median":null,"p90":null,"p99":null,"max":null})";
  }
  JsonObject o;
  o.Real("min", rtt->min).Real("median", rtt->median).Real("p90", rtt->p90);
  std::string text = o.Real("p99", rtt->p99).Real("max", rtt->max).Close();
  text.pop_back();  // the newline
  return text;
}

// "127.0.0.1 port 7", or "localhost (::1) port 7" when the name is not the address.
std::string Where(const Target& target) {
  if (target.host == target.address) return Format("%s port %u", target.host.c_str(), target.port);
  return Format("%s (%s) port %u", target.host.c_str(), target.address.c_str(), target.port);
}

std::string Verdict(bool damaged, bool nothingBack) {
  if (damaged) return "Damage found.\n";
  if (nothingBack) return "Nothing came back.\n";
  return "All that came back was intact.\n";
}

std::string FirstAt(const std::optional<std::uint64_t>& offset) {
  return offset ? Format(", the first at byte %llu of its stream", Ull(*offset)) : "";
}

int StatusOf(bool damaged, bool nothingBack) {
  return damaged || nothingBack ? kExitDamaged : kExitIntact;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += Format("\\u%04x", u);
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

// ---------------------------------------------------------------------------------------------

int ExitStatusOf(const UdpResult& r) {
  return StatusOf(r.tally.corrupted > 0, r.tally.answered == 0);
}

int ExitStatusOf(const EchoResult& r) {
  return StatusOf(r.mismatches > 0, r.bytesVerified == 0);
}

int ExitStatusOf(const ChargenResult& r) {
  return StatusOf(r.corrupted > 0, r.bytes == 0);
}

int ExitStatusOf(const ConnectResult& r) {
  return StatusOf(r.mismatches > 0, r.completed == 0);
}

// ---------------------------------------------------------------------------------------------

std::string SummaryText(const UdpResult& r) {
  const std::string pace =
      r.window > 0 ? Format("%u in flight", r.window) : Format("%.3f per second", r.rate);
  std::string text = Format("UDP echo to %s: %u-byte datagrams, %s, %.3f s\n",
                            Where(r.target).c_str(), r.size, pace.c_str(), r.seconds);
  const UdpTally& t = r.tally;
  text += Format(
      "  sent %llu, answered %llu, lost %llu, duplicated %llu, reordered %llu, corrupted %llu\n",
      Ull(t.sent), Ull(t.answered), Ull(t.Lost()), Ull(t.duplicated), Ull(t.reordered),
      Ull(t.corrupted));
  text +=
      Format("  %.0f answers per second\n", PerSecond(static_cast<double>(t.answered), r.seconds));
  if (r.rtt) {
    text += Format(
        "  round trip in microseconds: min %.1f, median %.1f, p90 %.1f, p99 %.1f, max %.1f\n",
        r.rtt->min, r.rtt->median, r.rtt->p90, r.rtt->p99, r.rtt->max);
  }
  return text + Verdict(t.corrupted > 0, t.answered == 0);
}

std::string SummaryText(const EchoResult& r) {
  std::string text = Format("TCP echo to %s: %u connections, %.3f s\n", Where(r.target).c_str(),
                            r.connections, r.seconds);
  text += Format("  sent %llu bytes, verified %llu bytes, %.2f MB/s\n", Ull(r.bytesSent),
                 Ull(r.bytesVerified), MegabytesPerSecond(r.bytesVerified, r.seconds));
  text += Format("  mismatches %llu%s, failed connections %llu\n", Ull(r.mismatches),
                 FirstAt(r.firstMismatch).c_str(), Ull(r.failed));
  return text + Verdict(r.mismatches > 0, r.bytesVerified == 0);
}

std::string SummaryText(const ChargenResult& r) {
  static constexpr const char* kChecks[] = {"not checked", "checked against our 1460-byte block",
                                            "checked against RFC 864 lines"};
  std::string text =
      Format("TCP chargen from %s: %u connections, %.3f s, %s\n", Where(r.target).c_str(),
             r.connections, r.seconds, kChecks[static_cast<int>(r.check)]);
  text += Format("  received %llu bytes, %.2f MB/s\n", Ull(r.bytes),
                 MegabytesPerSecond(r.bytes, r.seconds));
  text += Format("  corrupted %llu%s, failed connections %llu\n", Ull(r.corrupted),
                 FirstAt(r.firstCorrupt).c_str(), Ull(r.failed));
  return text + Verdict(r.corrupted > 0, r.bytes == 0);
}

std::string SummaryText(const ConnectResult& r) {
  std::string text = Format("TCP connect to %s: %u bytes each, %u at a time, %.3f s\n",
                            Where(r.target).c_str(), r.size, r.parallel, r.seconds);
  text += Format("  %llu connections, %.0f per second\n", Ull(r.completed),
                 PerSecond(static_cast<double>(r.completed), r.seconds));
  text += Format("  mismatches %llu, failed %llu\n", Ull(r.mismatches), Ull(r.failed));
  return text + Verdict(r.mismatches > 0, r.completed == 0);
}

// ---------------------------------------------------------------------------------------------

std::string SummaryJson(const UdpResult& r) {
  const UdpTally& t = r.tally;
  JsonObject o;
  o.Where("udp", r.target).Count("size", r.size).Real("seconds", r.seconds);
  o.Count("sent", t.sent).Count("answered", t.answered).Count("lost", t.Lost());
  o.Count("duplicated", t.duplicated).Count("reordered", t.reordered);
  o.Count("corrupted", t.corrupted);
  o.Real("per_second", PerSecond(static_cast<double>(t.answered), r.seconds));
  o.Raw("rtt_us", RttJson(r.rtt));
  return o.Count("window", r.window).Real("rate", r.rate).Close();
}

std::string SummaryJson(const EchoResult& r) {
  JsonObject o;
  o.Where("echo", r.target).Count("connections", r.connections).Real("seconds", r.seconds);
  o.Count("bytes_sent", r.bytesSent).Count("bytes_verified", r.bytesVerified);
  o.Real("mb_per_s", MegabytesPerSecond(r.bytesVerified, r.seconds));
  o.Count("mismatches", r.mismatches).CountOrNull("first_mismatch_offset", r.firstMismatch);
  return o.Count("failed", r.failed).Close();
}

std::string SummaryJson(const ChargenResult& r) {
  static constexpr const char* kChecks[] = {"none", "block", "lines"};
  JsonObject o;
  o.Where("chargen", r.target).Count("connections", r.connections).Real("seconds", r.seconds);
  o.Count("bytes", r.bytes).Real("mb_per_s", MegabytesPerSecond(r.bytes, r.seconds));
  o.Text("check", kChecks[static_cast<int>(r.check)]);
  o.Count("corrupted", r.corrupted).CountOrNull("first_corrupt_offset", r.firstCorrupt);
  return o.Count("failed", r.failed).Close();
}

std::string SummaryJson(const ConnectResult& r) {
  JsonObject o;
  o.Where("connect", r.target).Count("size", r.size).Real("seconds", r.seconds);
  o.Count("connections", r.completed);
  o.Real("per_second", PerSecond(static_cast<double>(r.completed), r.seconds));
  o.Count("mismatches", r.mismatches).Count("failed", r.failed);
  return o.Count("parallel", r.parallel).Close();
}

// ---------------------------------------------------------------------------------------------

std::string UdpProgress(double elapsed, double perSecond, const UdpTally& t) {
  return Format("%6.0f s %9.0f/s  sent %11llu  answered %11llu  corrupted %7llu\r", elapsed,
                perSecond, Ull(t.sent), Ull(t.answered), Ull(t.corrupted));
}

std::string StreamProgress(double elapsed, double mbPerSecond, std::uint64_t bytes,
                           std::uint64_t damaged, std::uint64_t failed) {
  return Format("%6.0f s %8.2f MB/s  bytes %15llu  damaged %6llu  failed %6llu\r", elapsed,
                mbPerSecond, Ull(bytes), Ull(damaged), Ull(failed));
}

std::string ConnectProgress(double elapsed, double perSecond, std::uint64_t completed,
                            std::uint64_t failed) {
  return Format("%6.0f s %9.0f connections/s  done %12llu  failed %8llu\r", elapsed, perSecond,
                Ull(completed), Ull(failed));
}

}  // namespace orvane::probe
