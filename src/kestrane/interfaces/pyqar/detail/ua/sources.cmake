# The OPC UA client: framing and codec, transport, secure channel, session, discovery, source.
set(PYQAR_UA_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/binary_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/binary_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/node_id.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_code.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcp_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/endpoint_url.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcp_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/secure_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/value_conversion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_discovery.cpp
)
