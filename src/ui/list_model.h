// The connection list behind the main dialog. Placeholder until the list
// model lands: the hub window embeds one.
#pragma once

class ListModel {};
