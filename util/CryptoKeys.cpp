#include "util/CryptoKeys.h"

#include <cstdint>
#include <map>

#include "common/ClientNames.h"

namespace Kvo {
namespace {

struct KeyRecord {
    std::int32_t length;
    std::int32_t stored[24];
    int ids[2];
};

// The keys are never kept in plain form: byte j is the low byte of stored[j] shifted right
// (arithmetically) by j mod 8 bits, or by 1 bit where j mod 8 is 0.
const KeyRecord kKeyTable[] = {
    {24,
     {1065808695,  558952901,   -1525791602, 995476642,   -1026283938, -1417048715,
      1792046705,  1946089040,  2124870111,  1085933766,  463906755,   1353541750,
      -1131816913, -1927748167, 356613041,   -965528660,  1328609621,  -855475108,
      -2130825457, 813483543,   -2117721656, -1002436906, -141804219,  428209538},
     {0, 4}},
    {16,
     {-924378779,  -60940035,  -1227509876, 673806144,  -617564557, 1822618950,
      1783188452,  -773046904, -806661309,  -604821367, 2088484441, 2122390326,
      -2110420475, 287629576,  -1974905776, 727061136,  1210847398, -1117857261,
      -1057158907, -143012861, -1547703915, 2125049489, -350087754, 607516356},
     {2, 1}},
    {24,
     {1666695311, 1384009118,  161326088,   68567200,   606159316,  91347599,
      772277404,  -1824703933, -882729701,  1402909911, -723068361, 188215519,
      1732623368, 86591734,    -1150076125, 489465535,  -563710478, -1742289798,
      533353802,  -1126639648, 1845813989,  376875699,  1298986280, -516795824},
     {3, 5}},
};

std::map<int, std::string>& KeyMap() {
    static std::map<int, std::string> keys;
    return keys;
}

}  // namespace

CryptoKeys::CryptoKeys() {
    for (const KeyRecord& record : kKeyTable) {
        std::string key(static_cast<std::size_t>(record.length), '\0');
        for (std::int32_t j = 0; j < record.length; ++j) {
            const int shift = (j % 8 == 0) ? 1 : j % 8;
            key[j] = static_cast<char>(static_cast<std::uint8_t>(record.stored[j] >> shift));
        }
        KeyMap()[record.ids[0]] = key;
        KeyMap()[record.ids[1]] = key;
    }
}

const std::string& CryptoKeys::GetKey(int id) {
    const auto found = KeyMap().find(id);
    return found == KeyMap().end() ? EMPTY_STRING : found->second;
}

}  // namespace Kvo
