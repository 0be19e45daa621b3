// Design-time registration and the package's metadata.
#include "quodem/component/quodem.h"

namespace quodem {

void Register() {
  // Only the component goes on the palette; its two worker classes are internal.
  RegisterComponents("Samples",
                     {TComponentClass{
                         "TQuodem",
                         [](TComponent* owner) -> TComponent* { return new TQuodem(owner); },
                     }});
}

const PackageInfo& QuodemPackageInfo() {
  static const PackageInfo info{
      "Modem Component's", "1.0.0.0", "1.0.0.0", {1, 0, 0, 0}, 0x0411, 932, "vcl50",
  };
  return info;
}

}  // namespace quodem
