// The corrections for individual boards, as data: one row per group of boards.
#include "app/update_rules.h"

namespace flashwell::app {

using boarddata::FlashDataRecord;

void SetRevision(FlashDataRecord& r, std::uint8_t major, std::uint8_t minor) {
    r.HardwareRevision()[0] = minor;
    r.HardwareRevision()[1] = major;
}

const std::vector<BoardRule> kBoardRules = {
    {{"2003-K7A-1024-1-0286", "2003-K7A-1024-1-0287"},
     true,
     [](FlashDataRecord& r) {
         r.RevisionStamps[0].Day = "01";
         r.RevisionStamps[0].Month = "01";
         r.RevisionStamps[0].Year = "2006";
         SetRevision(r, 1, 3);
     },
     "revision 1.3 of 01.01.2006"},
    {{"2005-K7A-1024-0-0200"},
     false,
     [](FlashDataRecord& r) {
         r.Customer = "Halvorn-Kupplung WF";
         r.Reference = "3200";
         r.BoardDate = {"12", "05", "2009"};
         r.SerialNumber = "2005-K7A-1024-0-0257";
         r.OptionBytes[0] = 4;
         r.OptionBytes[1] = 0;
         r.OptionBytes[2] = 0;
         r.FeatureFlags[0] = 0x30;
         r.FeatureFlags[1] = 0x24;
         r.FeatureFlags[2] = 0x04;
     },
     "customer, reference, date and serial number of board 0257"},
    {{"2003-K7A-1024-9-0271", "2003-K7A-1024-9-0276", "2003-K7A-1024-9-0277",
      "2003-K7A-1024-9-02zz"},
     false,
     [](FlashDataRecord& r) {
         r.ChannelGroups[4].Count = 2;
         r.ChannelGroups[3].Count = 2;
         r.OptionBytes[0] = 0;
         r.OptionBytes[1] = 0;
         r.OptionBytes[2] = 0;
         r.FeatureFlags[0] = 0x30;
         r.FeatureFlags[1] = static_cast<std::uint8_t>((r.FeatureFlags[1] & 0x7F) | 0x20);
         r.FeatureFlags[2] = 0;
     },
     "two channels in groups 3 and 4"},
    {{"2003-K7A-1024-9-0269"},
     false,
     [](FlashDataRecord& r) { r.ChannelGroups[0].Count = 0x20; },
     "32 channels in group 0"},
    {{"2003-K7A-1024-9-0281", "2003-K7A-1024-9-0227"},
     false,
     [](FlashDataRecord& r) {
         r.ChannelGroups[4].Count = 5;
         r.ChannelGroups[3].Count = 5;
         r.FeatureFlags[0] = 0x30;
         r.FeatureFlags[1] = static_cast<std::uint8_t>(r.FeatureFlags[1] | 0x80);
         r.FeatureFlags[2] = 0;
     },
     "five channels in groups 3 and 4"},
};

} // namespace flashwell::app
