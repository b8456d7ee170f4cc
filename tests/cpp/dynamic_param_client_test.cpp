// The parts of the configuration client that the joystick's fixed settings never reach
// from Python: the durability words and the invalid-argument error.
#include <cstdlib>
#include <stdexcept>

#include "check.hpp"
#include "joystick/dynamic_param_client.hpp"

using joystick::DynamicParamClient;
using joystick::DynamicParamConfig;

int main() {
  ::setenv("ROS_DOMAIN_ID", "141", 1);
  for (const char* word : {"Volatile", "transient-local", ""}) {
    DynamicParamConfig config;
    config.domain_id = 141;
    config.durability = word;
    DynamicParamClient client;
    CHECK_THROWS_MSG(client.connect(config), std::invalid_argument,
                     std::string("Unsupported dynamic_param QoS durability: ") + word);
    CHECK(!client.ready());
    CHECK_EQ(client.config().durability, std::string(word));
  }
  // Both recognised words get as far as the wait for a server, which nobody provides here.
  for (const char* word : {"volatile", "transient_local"}) {
    DynamicParamConfig config;
    config.durability = word;
    config.depth = -3;
    DynamicParamClient client;
    CHECK_THROWS_MSG(client.connect(config), std::runtime_error,
                     "dynamic_param service is unavailable");
    CHECK(!client.ready());
  }
  return check::finish("dynamic_param_client_test");
}
