#pragma once
// Discovery of OPC servers through the OPC access library.
// Blocking; any thread (the desktop window calls it from the GUI thread).

#include <QString>
#include <QStringList>

// 枚举本地或指定主机上的所有 OPC 服务器
//   hostname: 主机名或IP，默认本地
//   max_servers: 最大枚举数量
//   port: 端口，OPC DA 通常为0 (0 asks for DA servers, any other port for the UA server there)
// Returns [schema, ...]: the server addresses the library filled in (its short name where it
// gives no address), trailing NULs removed. Throws what the library throws.
QStringList enumerate_opc_servers(const QString& hostname = QStringLiteral("localhost"),
                                  int max_servers = 16, int port = 0);
