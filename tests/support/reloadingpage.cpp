#include "support/reloadingpage.h"

namespace snapvel::test {

QByteArray reloadingPageHtml(Reloads when)
{
    QByteArray reload;
    switch (when) {
    case Reloads::WhenPainted:
        reload = "addEventListener('resize', () => { reload(); });";
        break;
    case Reloads::AfterLoad:
        reload = "addEventListener('load', () => setTimeout(reload, 0));";
        break;
    case Reloads::Forever:
        reload = "addEventListener('load', () => setTimeout(() => location.reload(), 0));";
        break;
    }
    return "<!DOCTYPE html><body style='margin:0;height:3000px;background:rgb(200,0,0)'><script>"
           "const key = 'reloaded ' + location.pathname;"
           "const reload = () => { if (!sessionStorage[key]) { sessionStorage[key] = 1;"
           " location.reload(); } };"
           "if (sessionStorage[key]) document.body.style.background = 'rgb(0,160,0)';"
           "else " +
           reload + "</script></body>";
}

} // namespace snapvel::test
