#include "sample_data.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace veldcli {

const double kSysMissing = -DBL_MAX;

namespace {

constexpr int kLikertItems = 20;
constexpr int kCityWidth = 16;
constexpr int kCodeWidth = 8;
// id, region, sex, age, education, income, weight, 20 items, spend, score
constexpr int kNumeric = 7 + kLikertItems + 2;
constexpr std::size_t kRecordSize = kNumeric * 8 + kCityWidth + 2 * kCodeWidth;

const char* const kCities[] = {"Aberdeen", "Brno", "Coimbra", "Dresden", "Eindhoven", "Florence",
                               "Gdansk", "Halle", "Innsbruck", "Jyvaskyla", "Krakow", "Lyon",
                               "Malmo", "Nantes", "Oulu", "Porto", "Rennes", "Salzburg",
                               "Tartu", "Utrecht"};
const char* const kOccupations[] = {"A11", "A12", "B20", "B21", "C31", "C35", "D40", "E52", "F60", "G71"};

// Each record draws from its own generator seeded by its index.
struct SplitMix {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};

void putDouble(unsigned char*& p, double v) {
    std::memcpy(p, &v, 8);
    p += 8;
}

void putPadded(unsigned char*& p, const char* text, int width) {
    const std::size_t n = std::strlen(text);
    for (int i = 0; i < width; ++i) p[i] = i < static_cast<int>(n) ? static_cast<unsigned char>(text[i]) : ' ';
    p += width;
}

}  // namespace

std::size_t sampleRecordSize() { return kRecordSize; }

std::string sampleDictionary() {
    std::string d = "veld demo survey\nrecord width " + std::to_string(kRecordSize) + " bytes\n";
    auto var = [&d](const std::string& name, const std::string& type, const std::string& label,
                    const std::string& extra) {
        d += "variable " + name + " " + type + " label \"" + label + "\"" + extra + "\n";
    };
    var("id", "numeric 8", "Respondent number", "");
    var("region", "numeric 8", "Region of residence",
        " values 1..12 \"North\" \"North-East\" \"East\" \"South-East\" \"South\" ...");
    var("sex", "numeric 8", "Sex of respondent", " values 1 \"Male\" 2 \"Female\"");
    var("age", "numeric 8", "Age in completed years", " range 18 to 90");
    var("educ", "numeric 8", "Highest level of education",
        " values 1 \"Primary\" 2 \"Lower secondary\" 3 \"Upper secondary\" 4 \"Post-secondary\" "
        "5 \"Bachelor\" 6 \"Master or higher\"");
    var("income", "numeric 8", "Household income per month, rounded to 100", " missing system");
    var("weight", "numeric 8", "Design weight", " decimals 2");
    for (int i = 1; i <= kLikertItems; ++i)
        var(std::string("q").append(std::to_string(i)), "numeric 8", "Agreement with statement " + std::to_string(i),
            " values 1 \"Strongly disagree\" 2 \"Disagree\" 3 \"Neither\" 4 \"Agree\" 5 \"Strongly agree\" "
            "9 \"No answer\" missing 9");
    var("spend", "numeric 8", "Spending last month", " decimals 2 missing system");
    var("score", "numeric 8", "Index score", " decimals 3");
    var("city", "string 16", "City of interview", "");
    var("occup", "string 8", "Occupation code", "");
    var("postal", "string 8", "Postal district", "");
    // Documentation lines, as long-lived surveys accumulate them.
    for (int i = 0; d.size() < 48 * 1024; ++i) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "document %04d wave %d: fieldwork notes, recoding of item q%d, weighting revision %d\n",
                      i, 1 + i % 7, 1 + i % kLikertItems, i / 7);
        d += line;
    }
    d += "end of dictionary\n";
    return d;
}

void sampleRecords(std::uint64_t first, std::uint64_t count, unsigned char* out) {
    unsigned char* p = out;
    for (std::uint64_t r = first; r < first + count; ++r) {
        SplitMix g{r * 0x2545F4914F6CDD1Dull + 17};
        const int region = 1 + g.below(12);
        const int age = 18 + g.below(73);
        const int educ = 1 + g.below(6);
        putDouble(p, static_cast<double>(r + 1));
        putDouble(p, region);
        putDouble(p, 1 + g.below(2));
        putDouble(p, age);
        putDouble(p, educ);
        putDouble(p, g.below(20) == 0 ? kSysMissing : 100.0 * (8 + g.below(20) + 4 * educ + age / 10));
        putDouble(p, std::round((0.5 + 2.0 * g.unit()) * 100.0) / 100.0);
        // Answers lean on a respondent's own tendency, as real ones do.
        const int lean = 1 + g.below(5);
        for (int i = 0; i < kLikertItems; ++i) {
            const int roll = g.below(100);
            double v;
            if (roll < 3)
                v = kSysMissing;
            else if (roll < 5)
                v = 9;
            else if (roll < 65)
                v = lean;
            else
                v = 1 + g.below(5);
            putDouble(p, v);
        }
        putDouble(p, g.below(10) == 0 ? kSysMissing : std::round(g.unit() * 250000.0) / 100.0);
        putDouble(p, std::round((40.0 + 20.0 * g.unit() + educ) * 1000.0) / 1000.0);
        putPadded(p, kCities[(region + g.below(4)) % 20], kCityWidth);
        putPadded(p, kOccupations[g.below(10)], kCodeWidth);
        char postal[9];
        std::snprintf(postal, sizeof postal, "%02d-%03d", region, g.below(1000));
        putPadded(p, postal, kCodeWidth);
    }
}

}  // namespace veldcli
