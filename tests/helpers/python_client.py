"""Calls the resource observer over its Unix socket from Python, with messages built from the
wire schema's descriptor set, and prints the HRESULT of the reply.

usage: python_client.py DESCRIPTOR_SET SOCKET_PATH
"""
import sys

import grpc
from google.protobuf import descriptor_pb2, message_factory


def main():
    descriptor_set, socket_path = sys.argv[1], sys.argv[2]
    files = descriptor_pb2.FileDescriptorSet()
    with open(descriptor_set, "rb") as f:
        files.ParseFromString(f.read())
    messages = message_factory.GetMessages(files.file)
    request_type, reply_type = messages["qn.ResourceInformation"], messages["qn.Result"]

    sample = request_type(machine_name="PYHOST", process_name="pyserver", process_id=77, data_valid=1, monitor_interval_sec=5)
    sample.process_load.thread_count = 9
    sample.machine_load.avail_physical_kb = 1024
    sample.external_usage.SetInParent()

    with grpc.insecure_channel("unix:" + socket_path) as channel:
        call = channel.unary_unary("/qn.IQNResourceObserver/SetProcessResourceInfo",
                                   request_serializer=lambda m: m.SerializeToString(),
                                   response_deserializer=reply_type.FromString)
        reply = call(sample, timeout=10)
    print("hresult", reply.hresult, flush=True)


if __name__ == "__main__":
    main()
