#include "AgentMain.h"

int main(int argc, char* argv[])
{
    return Vondra::runAgent(argc, argv);
}
