// An object that holds one scrambled name and one plain control text. The check reads the
// object's bytes: the control text must be found (so the scan works), the name must not.
#include "runtime/text/scramble.h"

extern const ScrambledName<20> kProbeName;
extern const char kProbeControl[];

constexpr ScrambledName<20> kProbeName = Scramble("ProbeOptionNameText");
constexpr char kProbeControl[] = "ProbeControlTextShown";
