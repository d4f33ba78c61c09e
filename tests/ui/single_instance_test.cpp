// placeholder
#include <QObject>
