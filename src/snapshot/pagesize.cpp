#include "snapshot/pagesize.h"

namespace snapvel {

PageSize pageSizeFrom(const DocumentMetrics &m)
{
    return {m.scrollWidth + (m.offsetWidth - m.clientWidth) + kPageWidthMargin,
            m.scrollHeight + (m.offsetHeight - m.clientHeight)};
}

} // namespace snapvel
