// The component framework layer: the few framework classes the component needs.
#pragma once

#include "quodem/platform/framework/component.h"
#include "quodem/platform/framework/dialogs.h"
#include "quodem/platform/framework/exception.h"
#include "quodem/platform/framework/registry.h"
#include "quodem/platform/framework/streams.h"
#include "quodem/platform/framework/string_list.h"
#include "quodem/platform/framework/thread.h"
