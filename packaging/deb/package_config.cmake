# Writes the packaged example configuration OUT from the project's config.ini IN: the same
# settings and comments, with the tag list under /etc/kestrane and the logs in
# /var/log/kestrane; data_dir, spool_dir and opc_pki_dir stay relative to the service's
# working directory, /var/lib/kestrane. Stops when config.ini no longer has a line to change.
file(READ "${IN}" text)
set(header [=[# The configuration of the kestrane-console service: /etc/kestrane/config.ini, found by the
# program as /usr/lib/kestrane/config.ini (the parent of its own folder). Readable by root and
# the kestrane group only, since it may hold passwords. After a change:
#   systemctl restart kestrane-console
# Relative paths below (data_dir, spool_dir, opc_pki_dir) are taken from the working
# directory, /var/lib/kestrane. Out of the box it reads the built-in OPC DA simulation into
# the SQLite file /var/lib/kestrane/data/kestrane_demo.db.
]=])
string(FIND "${text}" "\n[TSDBConnection]" body_at)
if(body_at LESS 0)
  message(FATAL_ERROR "${IN}: no [TSDBConnection] section")
endif()
string(SUBSTRING "${text}" ${body_at} -1 body)
foreach(pair "tag_csv_path = tags.csv|tag_csv_path = /etc/kestrane/tags.csv"
             "log_dir = log|log_dir = /var/log/kestrane")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  string(FIND "${body}" "\n${from}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "${IN}: no line '${from}' to change for the package")
  endif()
  string(REPLACE "\n${from}\n" "\n${to}\n" body "${body}")
endforeach()
file(WRITE "${OUT}" "${header}${body}")
