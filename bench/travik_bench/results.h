// Measured figures of one or more runs, kept as named values so that runs of
// the two codec builds can be merged into one table. Keys name what was
// measured, e.g. "img.travik.zlib.1280x720g.v8.mbps"; see results.cpp.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace travik_bench {

struct FrameShape;

class Results {
public:
    void Set(const std::string& key, double value) { m_values[key] = value; }
    bool Has(const std::string& key) const { return m_values.count(key) > 0; }
    double Get(const std::string& key) const;

    // Text facts about the run: machine, date, codec, mode, load.
    void SetMeta(const std::string& key, const std::string& value) { m_meta[key] = value; }
    std::string Meta(const std::string& key) const;

    // Tab-separated "key<TAB>value" lines; meta keys start with '@'.
    bool WriteTsv(const std::string& path) const;
    static bool ReadTsv(const std::string& path, Results& out);

    // Adds the other run's values that this one lacks; meta values that
    // differ are joined with " + ".
    void Merge(const Results& other);

    const std::map<std::string, double>& Values() const { return m_values; }

private:
    std::map<std::string, double> m_values;
    std::map<std::string, std::string> m_meta;
};

// "640x480g", "1920x1080rgb": the shape part of a key.
std::string ShapeKey(const FrameShape& shape);

// The markdown report: one table per topic, then the targets.
std::string RenderMarkdown(const Results& results);

// Smoke check: every value that a smoke run measures is present and
// positive; prints what is missing. True when all are.
bool SmokeValuesPresent(const Results& results, const std::vector<std::string>& keys);

}  // namespace travik_bench
