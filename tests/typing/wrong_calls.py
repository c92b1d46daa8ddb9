"""Calls that the type checker must reject; each line marked `# wrong` is one error."""

from zivane import HttpClient, HttpResponse, HttpServer

HttpServer("8080")  # wrong
HttpResponse(status="200")  # wrong


async def run(client: HttpClient) -> None:
    await client.post("/", "body")  # wrong
    client.get("/").status  # wrong
