/* A controller that gets one thing wrong, for the doctor's tests: it publishes user_obs
   with whatever type core_dds.h gives it (the SDK's message definition or another one)
   and the reliability named on the command line. Runs until standard input closes. */
#include <dds/dds.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core_dds.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DOMAIN reliable|best_effort\n", argv[0]);
    return 2;
  }
  const dds_entity_t participant =
      dds_create_participant((dds_domainid_t)atoi(argv[1]), NULL, NULL);
  if (participant < 0) return 1;
  const dds_entity_t topic =
      dds_create_topic(participant, &core_dds_UserObservation_desc, "user_obs", NULL, NULL);
  dds_qos_t* qos = dds_create_qos();
  if (strcmp(argv[2], "best_effort") == 0) {
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  }
  const dds_entity_t writer = dds_create_writer(participant, topic, qos, NULL);
  dds_delete_qos(qos);
  if (topic < 0 || writer < 0) return 1;
  printf("ready\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  dds_delete(participant);
  return 0;
}
