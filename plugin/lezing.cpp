#include "plugin/lezing.h"

#include "plugin/language.h"
#include "json/json.h"

namespace lezing {

Lezing LeesKaart(const std::string& lezer, const belpic::Vraag& vraag) {
    Lezing lezing;
    lezing.gegevens = belpic::lees(lezer, lezing.fout, vraag);
    return lezing;
}

Lezing LeesVelden(const std::string& lezer, const std::string& velden) {
    Lezing lezing;
    const belpic::Vraag vraag = belpic::vraagNaar(velden, lezing.fout);
    if (lezing.fout.code != belpic::geenFout) {
        return lezing;
    }
    return LeesKaart(lezer, vraag);
}

std::string Document(const Lezing& lezing) {
    return lezing.fout.code != belpic::geenFout ? language::ErrorDocument(lezing.fout)
                                                : belpic::alsJson(lezing.gegevens);
}

std::string Bezorgd(const Lezing& lezing, const std::string& lezer) {
    return belpic::metLezer(Document(lezing), lezer);
}

} // namespace lezing
