// A controller's DDS side on the other DDS implementation, for the doctor's tests: it reads
// user_obs_request and publishes user_obs with the types the other implementation's code
// generator made from the SDK's message definition (with type objects).
//   fastdds_controller DOMAIN typeobject       types announced with their type information
//   fastdds_controller DOMAIN ack-delay MS     no type information; the reader answers a
//                                              heartbeat only after MS milliseconds
// Prints "ready" once its endpoints exist, runs until standard input closes.
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/rtps/common/Locator.h>
#include <fastrtps/utils/IPLocator.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "core_ddsPubSubTypes.h"
#include "core_ddsTypeObject.h"

using namespace eprosima::fastdds::dds;

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[2], "ack-delay") == 0 && argc < 4)) {
    std::fprintf(stderr, "usage: %s DOMAIN typeobject | DOMAIN ack-delay MS\n", argv[0]);
    return 2;
  }
  const bool typeObjects = std::strcmp(argv[2], "typeobject") == 0;
  const int ackDelayMs = typeObjects ? 5 : std::atoi(argv[3]);

  DomainParticipantQos pqos;
  pqos.name("fastdds_controller");
  // The tests run without multicast: announce to the loopback peers, as the SDK's
  // configuration does.
  eprosima::fastrtps::rtps::Locator_t peer;
  eprosima::fastrtps::rtps::IPLocator::setIPv4(peer, 127, 0, 0, 1);
  pqos.wire_protocol().builtin.initialPeersList.push_back(peer);
  pqos.wire_protocol().builtin.discovery_config.leaseDuration_announcementperiod =
      eprosima::fastrtps::Duration_t(0, 100000000);
  DomainParticipant* participant =
      DomainParticipantFactory::get_instance()->create_participant(std::atoi(argv[1]), pqos);
  if (participant == nullptr) return 1;

  // The generated type objects reach the announcements only once they are registered.
  if (typeObjects) registercore_ddsTypes();
  TypeSupport requestType(new core_dds::UserObsRequestPubSubType());
  TypeSupport obsType(new core_dds::UserObservationPubSubType());
  for (TypeSupport* type : {&requestType, &obsType}) {
    (*type)->auto_fill_type_information(typeObjects);
    (*type)->auto_fill_type_object(typeObjects);
    type->register_type(participant);
  }
  Topic* requestTopic =
      participant->create_topic("user_obs_request", requestType.get_type_name(), TOPIC_QOS_DEFAULT);
  Topic* obsTopic = participant->create_topic("user_obs", obsType.get_type_name(), TOPIC_QOS_DEFAULT);
  Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
  Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);

  DataReaderQos rqos = DATAREADER_QOS_DEFAULT;
  rqos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  rqos.history().depth = 1;
  rqos.reliable_reader_qos().times.heartbeatResponseDelay =
      eprosima::fastrtps::Duration_t(ackDelayMs / 1000, (ackDelayMs % 1000) * 1000000u);
  DataReader* reader = subscriber->create_datareader(requestTopic, rqos);
  DataWriterQos wqos = DATAWRITER_QOS_DEFAULT;
  wqos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  DataWriter* writer = publisher->create_datawriter(obsTopic, wqos);
  if (reader == nullptr || writer == nullptr) return 1;

  std::printf("ready\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  participant->delete_contained_entities();
  DomainParticipantFactory::get_instance()->delete_participant(participant);
  return 0;
}
